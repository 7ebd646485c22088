// The repacker package. Exports Ruzededo alone.
//
// The ordering strategies (BaseRepackStrategy, ForwardRepackStrategy,
// ReverseRepackStrategy, SidesRepackStrategy) are reachable from
// zelq/generation/repacker/repack_strategy.hpp, and the options and
// enumerations that Ruzededo uses (RuzededoOptions, RepackMethod,
// RepackerMode, RepackResult, SizeFunc) come with this header from
// zelq/generation/repacker/repacker.hpp, but only Ruzededo is the package's
// export.
#pragma once

#include "zelq/generation/repacker/repacker.hpp"
