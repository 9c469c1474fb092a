/* api.h - export macro of libgnuradio-rsid.so: only the blocks' make() and their virtual
 * interfaces are visible; the engine inside stays hidden. */
#ifndef INCLUDED_RSID_API_H
#define INCLUDED_RSID_API_H

#include <gnuradio/attributes.h>

#ifdef gnuradio_rsid_EXPORTS /* set by CMake for the library only */
#define RSID_GR_API __GR_ATTR_EXPORT
#else
#define RSID_GR_API __GR_ATTR_IMPORT
#endif

#endif
