// The message of the failure a call raises, for tests of error texts.
#pragma once

#include <string>

#include "kiv/errors.h"

namespace testsupport {

// The what() of the E that f() raises, or "(no error)" when it returns.
template <typename E, typename F>
std::string errorOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace testsupport
