// The message of the exception of type E that a call throws; "" when it throws none.
#pragma once

#include <string>

namespace nuvra::testing {

template <class E, class F>
std::string error_text(F&& call) {
    try {
        call();
    } catch (E const& e) {
        return e.what();
    }
    return "";
}

}  // namespace nuvra::testing
