// TEMPORARY: placeholder so that the tree links; the command channel work replaces it.
#include "command_channel/ipc_server.h"

namespace tarnel {

IPCServer::IPCServer() {}
IPCServer::~IPCServer() {}
void IPCServer::Start(const std::string&, bool, bool, bool) {}
void IPCServer::Stop() {}

}  // namespace tarnel
