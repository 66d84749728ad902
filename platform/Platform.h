#pragma once
// The one place where the program picks the real implementations of the engine's system ports.

#include <memory>

#include "scan/Ports.h"

namespace talvik {

std::shared_ptr<IThreads> MakeThreads();
std::shared_ptr<INameResolver> MakeNameResolver();

}  // namespace talvik
