// The daemon's start-up, main loop hand-over and shutdown.
#pragma once

namespace vgd {
int daemonMain(int argc, char** argv);
}
