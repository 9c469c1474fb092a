// paths.mjs - the builds the tests use; run.sh sets these, the defaults are its directories.
import { fileURLToPath } from 'node:url';

const repo = fileURLToPath(new URL('../..', import.meta.url));
export const nativeBuild = process.env.RSID_NATIVE_BUILD ?? `${repo}build/test`;
export const wasmBuild = process.env.RSID_WASM_BUILD ?? `${repo}build/wasm`;
export const webReference = `${nativeBuild}/tests/web/web_reference`;
export const rsidTool = `${nativeBuild}/tools/rsid`;
export const testWasm = `${wasmBuild}/web/rsid_test.wasm`;
