#include "tables/IfaActionVectorSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaActionVector, ifaActionVectorFactory)
