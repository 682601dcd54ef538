// udp_time_broadcaster: puts the PC's local time on the local network once a
// second, as a frame in a UDP datagram to port 16000. It takes no options.
#include "broadcaster.h"

int main() { return udp_time_broadcaster::run_udp_time_broadcaster(); }
