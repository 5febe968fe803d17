#include "tables/IfaMetadataConstructProfileSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaMetadataConstructProfile, ifaMetadataConstructProfileFactory)
