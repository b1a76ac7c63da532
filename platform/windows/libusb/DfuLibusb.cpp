// placeholder
#include "platform/DfuTransport.h"
std::shared_ptr<IDfuTransportFactory> CreateLibusbDfuTransportFactory() { return nullptr; }
