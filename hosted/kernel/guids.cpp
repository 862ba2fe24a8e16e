// Definitions of the well-known GUIDs declared in wdmguid.h.
#include <initguid.h>
#include <wdmguid.h>
