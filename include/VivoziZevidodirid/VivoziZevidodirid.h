#pragma once

// The whole exported interface of the library.

#include <VivoziZevidodirid/Export.h>
#include <VivoziZevidodirid/Journal.h>
#include <VivoziZevidodirid/MaintenanceSets.h>
#include <VivoziZevidodirid/Mounts.h>
#include <VivoziZevidodirid/Notifications.h>
#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/Privacy.h>
#include <VivoziZevidodirid/Runner.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Task.h>
#include <VivoziZevidodirid/Tools.h>
#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
