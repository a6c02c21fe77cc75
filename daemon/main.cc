#include "daemon/vgd_main.h"

int main(int argc, char** argv) { return vgd::daemonMain(argc, argv); }
