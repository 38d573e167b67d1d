#pragma once
// One session as lines of "key value", between "session N" and "end", for people and test scripts.

#include "chip_model.h"

#include <string>

namespace kestrup::sim {

std::string formatSession(const SessionRecord& session);

}  // namespace kestrup::sim
