#include "Kiva/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace Kiva {

void assertFailed(char const* assertion, char const* file, unsigned line, char const* function) {
  std::fprintf(stderr, "assertion \"%s\" failed: file \"%s\", line %u, function %s\n", assertion,
               file, line, function);
  std::fflush(stderr);
  std::abort();
}

void assertFailedMsg(char const* assertion, char const* message, char const* file, unsigned line,
                     char const* function) {
  std::fprintf(stderr, "assertion \"%s\" failed: file \"%s\", line %u, function %s: %s\n",
               assertion, file, line, function, message);
  std::fflush(stderr);
  std::abort();
}

}  // namespace Kiva
