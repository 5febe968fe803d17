#include "tables/IfaPortSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_INSTANCE(IfaPortSwTable)
