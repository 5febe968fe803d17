#include "tables/IfaMonIngRedirectPktProfileSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaMonIngRedirectPktProfile>;
