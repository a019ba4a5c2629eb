// kadrix with a chosen number of workers, for the tests only:
//   kadrix_workers WORKERS DIR LIST
// runs exactly as `kadrix DIR LIST` would with that many workers.

#include <cstdlib>

#include "driver/fast_stages.h"
#include "driver/run_objects.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const int workers = std::atoi(argv[1]);
  if (workers < 1) return 2;
  argv[1] = argv[0];
  return kadrix::run_objects(argc - 1, argv + 1, kadrix::fast_stages(), workers);
}
