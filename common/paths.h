// paths.h: the paths the server and its tools agree on without asking each other.
#pragma once

// The control socket: root-only, served by the daemon, used by kstctl.
inline constexpr char kControlSocket[] = "/run/KSTntserver.ctl";
