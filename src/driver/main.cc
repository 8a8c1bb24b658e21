// kelvora: turns a tape image into a WAV recording of its FSK signal.
#include <new>

#include "cli/failure.h"
#include "driver/conversion.h"

int main(int argc, char** argv) {
  try {
    return kelvora::run_main(argc, argv);
  } catch (const kelvora::failure& f) {
    return kelvora::report_failure(f);
  } catch (const std::bad_alloc&) {
    return kelvora::report_failure(kelvora::failure{"cannot allocate memory\n"});
  }
}
