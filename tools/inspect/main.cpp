#include "tools/inspect/inspect.h"

int main(int argc, char** argv) { return kadrix::inspect::run_inspect(argc, argv); }
