#!/usr/bin/env python3
"""ha_templates.py CONFIGS EVENT - renders the templates of the Home Assistant discovery
configurations the tool published (CONFIGS: {"detection": {...}, "freq_hz": {...},
"snr_db": {...}}, by object id) on an event it
published (EVENT), in a sandboxed Jinja environment with Home Assistant's to_json filter, as
Home Assistant does: the event entity must get a JSON object whose event_type is one of its
event_types and whose other keys are the record's, each sensor the record's field. Exits 77
(skipped) when python3-jinja2 is not installed."""
import json
import sys

try:
    from jinja2.sandbox import ImmutableSandboxedEnvironment
except ImportError:
    print("python3-jinja2 is not installed: skipped")
    sys.exit(77)

with open(sys.argv[1], encoding="utf-8") as f:
    configs = json.load(f)
with open(sys.argv[2], encoding="utf-8") as f:
    payload = f.read()
record = json.loads(payload)

env = ImmutableSandboxedEnvironment()
env.filters["to_json"] = json.dumps


def render(template):
    return env.from_string(template).render(value=payload, value_json=record)


event_config = configs["detection"]
event = json.loads(render(event_config["value_template"]))
assert event["event_type"] in event_config["event_types"], event
assert {k: v for k, v in event.items() if k != "event_type"} == record, event

values = {}
for field in ("freq_hz", "snr_db"):
    values[field] = float(render(configs[field]["value_template"]))
    assert values[field] == record[field], (field, values[field], record)
print(f"event {event['event_type']} with {len(event) - 1} attributes; sensors {values}")
