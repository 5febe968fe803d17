// Fatal assertions of the platform: a broken contract reports the assertion
// text, where it stands (source file and line) and the operation, then stops
// the process.
#pragma once

namespace Kiva {

[[noreturn]] void assertFailed(char const* assertion, char const* file, unsigned line,
                               char const* function);

}  // namespace Kiva

// Checks `cond`; when false, reports `text` at (`file`, `line`) in `function`
// and aborts.
#define KIVA_ASSERT_AT(cond, text, file, line, function)                   \
  do {                                                                     \
    if (!(cond)) ::Kiva::assertFailed((text), (file), (line), (function)); \
  } while (0)
