// The engine's version text.
#pragma once

namespace nuvra {

// "2.0.0": major.minor.patch of the engine. Python shows it as nuvra.core.__version__ and every
// program header stores it. A static string, never null.
const char* version();

}  // namespace nuvra
