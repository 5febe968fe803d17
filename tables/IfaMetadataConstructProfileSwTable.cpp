#include "tables/IfaMetadataConstructProfileSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaMetadataConstructProfile>;
