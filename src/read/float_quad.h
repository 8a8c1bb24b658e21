// Four floats that GCC and Clang keep in one vector register and operate on
// at once where the processor can (their vector extension; elsewhere the
// compiler works lane by lane). Lanes are indexed like an array.
#pragma once

namespace kelvora {

// Four floats, added and multiplied lane by lane (a scalar applies to every lane).
typedef float float_quad __attribute__((vector_size(16)));

}  // namespace kelvora
