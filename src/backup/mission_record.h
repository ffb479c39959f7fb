// The mission records moved to the floor every family shares; the backup's own files keep this name.
#pragma once
#include "mission/mission_record.h"
