#include "driver/fast_stages.h"
#include "driver/run_objects.h"

int main(int argc, char** argv) { return kadrix::run_objects(argc, argv, kadrix::fast_stages()); }
