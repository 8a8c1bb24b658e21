// kelvora's entry: runs the command line (a conversion, --play or --read) and
// turns a failure into its message and exit status.
#include <exception>
#include <new>
#include <string>

#include "cli/failure.h"
#include "driver/conversion.h"

int main(int argc, char** argv) {
  try {
    return kelvora::run_main(argc, argv);
  } catch (const kelvora::failure& f) {
    return kelvora::report_failure(f);
  } catch (const std::bad_alloc&) {
    return kelvora::report_failure(kelvora::failure{"cannot allocate memory\n"});
  } catch (const std::exception& e) {
    // Still one line and status 1, whatever the library threw.
    return kelvora::report_failure(kelvora::failure{std::string("internal error: ") + e.what() + "\n"});
  }
}
