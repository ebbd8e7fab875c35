// The engine's version text.
#pragma once

namespace nuvra {

// major.minor.patch of the engine, which is also the project's and the Python package's version
// (written once, in version.cpp). Python shows it as nuvra.core.__version__ and every program
// header stores it. A static string, never null.
const char* version();

}  // namespace nuvra
