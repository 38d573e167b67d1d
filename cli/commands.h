#pragma once
// What each form of the command line does; each returns the exit status.

#include "options.h"

namespace kestrup::cli {

int runUpload(const Options& options);
int runIdentify(const Options& options);
int runList();
int runScan(const Options& options);
int runInfo(const Options& options);

}  // namespace kestrup::cli
