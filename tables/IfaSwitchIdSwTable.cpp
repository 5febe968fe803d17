#include "tables/IfaSwitchIdSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaSwitchId, ifaSwitchIdFactory)
