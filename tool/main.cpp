// quorvel: sends one UDS request read from standard input to an ECU over DoIP and prints the
// answer, or requests vehicle identification, or listens for vehicle announcements.
#include "tool/entry.h"

int main(int argc, char** argv) { return quorvel::Main(argc, argv); }
