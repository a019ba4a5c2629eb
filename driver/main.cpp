#include "driver/run_objects.h"

int main(int argc, char** argv) {
#ifdef KADRIX_STRAIGHTFORWARD
  return kadrix::run_objects(argc, argv, kadrix::Kernels::straightforward);
#else
  return kadrix::run_objects(argc, argv);
#endif
}
