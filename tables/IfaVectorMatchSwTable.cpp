#include "tables/IfaVectorMatchSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_INSTANCE(IfaVectorMatch)
