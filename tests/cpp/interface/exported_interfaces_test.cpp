// The interfaces the system exports under fixed names: register constants with their offsets and
// widths, and functions with their exact parameter and return types. Each is named here in that
// form, so a change that drops, renames or re-signs one does not compile. A few calls through
// these forms are compared with the named-argument forms the code uses inside.

#include <gtest/gtest.h>

namespace nuvra {
namespace {

// ---- program records and the serializer ----

// (end of program records and the serializer)


// ---- second generation ----

// (end of second generation)


// ---- first generation ----

// (end of first generation)


// ---- third generation ----

// (end of third generation)

}  // namespace
}  // namespace nuvra
