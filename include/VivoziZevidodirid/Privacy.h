#pragma once

#include <VivoziZevidodirid/Export.h>

// Whether the host application, its background tool and the companion agent all hold the Full
// Disk Access grant in the privacy database; false on any failure.
VZ_EXPORT bool isFullDiskAccessSetup();
