/* Pieces of the PiPL that resource-script syntax cannot derive from telvix_version.h by itself.
   Read only by the resource compiler; the Windows test host checks every one of them against
   telvix_version.h when it parses the PiPL back. */
#ifndef TELVIX_PIPL_H
#define TELVIX_PIPL_H

/* An L suffix makes a number a 32-bit word in a resource script; unsuffixed numbers are 16-bit. */
#define TELVIX_RC_LONG_(x) x##L
#define TELVIX_RC_LONG(x) TELVIX_RC_LONG_(x)

/* Pascal strings: a length byte (octal), the characters, zeros up to a multiple of 4 bytes.
   Separate comma-separated items, since not every resource compiler joins adjacent strings. */
#define TELVIX_PIPL_NAME "\006", TELVIX_NAME, "\0"
#define TELVIX_PIPL_MATCH_NAME "\006", TELVIX_MATCH_NAME, "\0"
#define TELVIX_PIPL_CATEGORY "\015", TELVIX_CATEGORY, "\0\0"

#endif
