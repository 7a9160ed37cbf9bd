#pragma once

#include <VivoziZevidodirid/Export.h>
#include <VivoziZevidodirid/PlistValue.h>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// --- Mount table ---

// The source mounted exactly at mountPoint; "" when none is (nullopt when that source is not
// valid UTF-8).
VZ_EXPORT std::optional<std::string>
getVolumeMountFromName(std::optional<std::string_view> mountPoint);
// The mount point of the first entry whose source begins with "/dev/<name>" or contains the bare
// name; "" when none does (nullopt when that mount point is not valid UTF-8).
VZ_EXPORT std::optional<std::string> getVolumeMountOnName(std::optional<std::string_view> device);
// Whether the first mount whose last path part equals path's last path part is APFS; false on
// systems before 10.12 and for a path without a "/".
VZ_EXPORT bool GetVolumeAPFS(std::optional<std::string_view> path);

// --- APFS topology ---

enum APFSVolumeRole : std::int32_t {
    APFSVolumeRoleSystem = 0,
    APFSVolumeRoleData = 1,
    APFSVolumeRolePreboot = 2,
    APFSVolumeRoleRecovery = 3,
    APFSVolumeRoleVM = 4,
    APFSVolumeRoleBackup = 5,
    APFSVolumeRoleNone = 6,
};

// The dictionary of the container named (disk1, /dev/disk1) or of the container whose physical
// store ends the name (disk0s2, /dev/rdisk0s2); absent when there is none.
VZ_EXPORT PlistValue getAPFSContainer(std::optional<std::string_view> name);
// The device identifier of the volume with that first role in the container(s) whose reference
// begins the name (with or without "/dev/"); nullopt when there is none.
VZ_EXPORT std::optional<std::string> getAPFSSystemVolume(std::optional<std::string_view> name);
VZ_EXPORT std::optional<std::string> getAPFSDataVolume(std::optional<std::string_view> name);
VZ_EXPORT std::optional<std::string> getAPFSPrebootVolume(std::optional<std::string_view> name);
VZ_EXPORT std::optional<std::string> getAPFSRecoveryVolume(std::optional<std::string_view> name);
// The first role of the volume with exactly that identifier; APFSVolumeRoleNone when not found.
VZ_EXPORT APFSVolumeRole getAPFSVolumeRole(std::optional<std::string_view> name);

// --- Capacity and size text ---

// Bytes of the file system holding path; 0.0 when it cannot be queried.
VZ_EXPORT double KXFoundationGetVolTotalSize(std::optional<std::string_view> path);
VZ_EXPORT double KXFoundationGetVolFreeSize(std::optional<std::string_view> path);
VZ_EXPORT double KXFoundationGetVolUsedSize(std::optional<std::string_view> path);
// Used bytes of the APFS container of the volume mounted at mountPoint; the statfs used size
// when there is no such container.
VZ_EXPORT double KXFoundationGetAPFSVolUsedSize(std::optional<std::string_view> mountPoint);
// Size text ("1.54 KB", "0 bytes") of the total and used size.
VZ_EXPORT std::string KXFoundationGetVolTotalSizeString(std::optional<std::string_view> path);
VZ_EXPORT std::string KXFoundationGetVolUsedSizeString(std::optional<std::string_view> path);
// Size text of a byte count; an absent count reads as 0.
VZ_EXPORT std::string KXFoundationConvertBytesToStringValue(std::optional<double> bytes);
// Rounds *bytes down to whole mebibytes, stores that byte count back and returns "<n>M". A null
// address answers the text for 0 and writes nothing.
VZ_EXPORT std::string KXFoundationRoundByteCountToMBAndString(double* bytes);
