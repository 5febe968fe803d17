#include "tables/IfaPktDetectionSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaPktDetection, ifaPktDetectionFactory)
