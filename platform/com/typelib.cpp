// placeholder until the type library lands
#include "platform/com/typelib.h"

