// paths.h: every path the server uses on the host, in one place. The tools and the tests keep their
// own copies of the few they need on purpose, so a path changed here by mistake shows up there.
#pragma once

// Installed files and directories.
inline constexpr const char *kPropertyFile = "/opt/orn/kestrel/data/property.inf";  // port configuration
inline constexpr const char *kWorkDir = "/opt/orn/kestrel/work";                    // holds the ready file
inline constexpr const char *kReadyFile = "/opt/orn/kestrel/work/KSTntserver.ready";
inline constexpr const char *kClassRootDir = "/opt/orn/kestrel/registry/HKEY_CLASS_ROOT";
inline constexpr const char *kAccessFile = "/etc/KSTntserver/access.conf";  // who may do what; none: everyone
inline constexpr const char *kLocalMachineDir = "/opt/orn/kestrel/registry/HKEY_LOCAL_MACHINE";

// Run-time files.
inline constexpr const char *kPidFile = "/var/run/KSTntserver.pid";
inline constexpr const char *kSystemdPidFile = "/run/KSTntserver.pid";   // the unit's PIDFile
inline constexpr char        kControlSocket[] = "/run/KSTntserver.ctl";  // root-only; kstctl uses it too

// What the start-up reads and runs on the host.
inline constexpr const char *kNetDevFile = "/proc/net/dev";
inline constexpr const char *kSystemctl = "/usr/bin/systemctl";
inline constexpr const char *kUnitFile = "/usr/lib/systemd/system/KSTntserver.service";
