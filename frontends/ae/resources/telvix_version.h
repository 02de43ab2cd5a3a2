/* Identity of the effect, shared by the C++ code and the resource compiler (which reads the PiPL
   from these same numbers), so that what global setup reports and what the PiPL declares can
   never drift apart. Plain literals only: the resource compiler's preprocessor cannot evaluate
   casts, so the C++ side checks the packed version against PF_VERSION. */
#ifndef TELVIX_VERSION_H
#define TELVIX_VERSION_H

#define TELVIX_NAME "Telvix"
#define TELVIX_MATCH_NAME "Telvix"
#define TELVIX_CATEGORY "Kesp Plug-ins"

/* TELVIX_MAJOR_VERSION ... TELVIX_ENCODED_VERSION, generated from the project's version. */
#include "telvix_project_version.h"

/* PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_USE_OUTPUT_EXTENT */
#define TELVIX_GLOBAL_OUTFLAGS 0x2000040
#define TELVIX_GLOBAL_OUTFLAGS2 0

/* Effect API spec version declared in the PiPL (eSVR), and the PiPL version (ePVR). */
#define TELVIX_SPEC_VERSION_MAJOR 13
#define TELVIX_SPEC_VERSION_MINOR 17
#define TELVIX_PIPL_VERSION_MAJOR 2
#define TELVIX_PIPL_VERSION_MINOR 0

#endif
