#include "tables/IfaPortSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaPortSwTable, ifaPortSwTableFactory)
