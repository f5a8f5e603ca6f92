#ifndef TFMDESCRIPTOR_H
#define TFMDESCRIPTOR_H

#include <tomcrypt.h>

// LibTomCrypt's math descriptor over TomsFastMath's fp_ functions, for a LibTomCrypt that was
// built without one. Copy it into ltc_mp before any public-key operation. All members but the
// elliptic-curve ones are set; numbers are limited to half of TomsFastMath's fixed size, so a
// product always fits.
extern "C" const ltc_math_descriptor tfm_desc;

#endif // TFMDESCRIPTOR_H
