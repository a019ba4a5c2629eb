#include "tools/nights/nights.h"

int main(int argc, char** argv) { return kadrix::nights::run_nights(argc, argv); }
