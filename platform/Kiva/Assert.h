// Fatal assertions of the platform: a broken contract reports the assertion
// text, where it stands (source file and line) and the operation, then stops
// the process.
#pragma once

namespace Kiva {

// Prints
//   assertion "<assertion>" failed: file "<file>", line <line>, function <function>
// to standard error and aborts.
[[noreturn]] void assertFailed(char const* assertion, char const* file, unsigned line,
                               char const* function);

// As assertFailed, for assertions that carry a message; prints
//   assertion "<assertion>" failed: file "<file>", line <line>, function <function>: <message>
[[noreturn]] void assertFailedMsg(char const* assertion, char const* message, char const* file,
                                  unsigned line, char const* function);

}  // namespace Kiva

// Checks `cond`; when false, reports `text` at (`file`, `line`) in `function`
// and aborts.
#define KIVA_ASSERT_AT(cond, text, file, line, function)                   \
  do {                                                                     \
    if (!(cond)) ::Kiva::assertFailed((text), (file), (line), (function)); \
  } while (0)

// As KIVA_ASSERT_AT, reporting `message` too.
#define KIVA_ASSERT_MSG_AT(cond, text, message, file, line, function)                    \
  do {                                                                                   \
    if (!(cond)) ::Kiva::assertFailedMsg((text), (message), (file), (line), (function)); \
  } while (0)
