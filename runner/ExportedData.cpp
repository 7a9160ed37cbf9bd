#include <VivoziZevidodirid/Runner.h>

extern "C" {

float progress = 0.0f;

const double VivoziZevidodiridVersionNumber = 1.0;

// The what(1) marker and the project version; 50 bytes before the NUL.
const unsigned char VivoziZevidodiridVersionString[] =
    "@(#)PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1\n";
}

static_assert(sizeof VivoziZevidodiridVersionString == 51);
