#include "LinuxTestSupport.h"
