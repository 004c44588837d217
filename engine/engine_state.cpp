// The engine's one state object (engine_state.h): static storage, all zero
// at the start of the process.
#include "engine_state.h"

namespace engine {

EngineState state;

}  // namespace engine
