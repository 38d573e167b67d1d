#pragma once
// One session as lines of "key value", between "session N" and "end", for people and test scripts.

#include <string>

#include "chip_model.h"

namespace kestrup::sim {

std::string formatSession(const SessionRecord& session);

}  // namespace kestrup::sim
