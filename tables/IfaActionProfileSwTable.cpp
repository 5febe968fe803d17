#include "tables/IfaActionProfileSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaActionProfile, ifaActionProfileFactory)
