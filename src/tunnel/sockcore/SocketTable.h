// The socket table: every open TCP record of the core, sorted by descriptor (ties by record
// address) and searched by descriptor. Internal to the core; all calls hold the core lock.
#pragma once

namespace kl {

class TcpSocket;

// One read takes at most this many bytes.
inline constexpr int kReceiveBufferSize = 204800;

void sktreeAdd(TcpSocket* s);
void sktreeDel(TcpSocket* s);
TcpSocket* sktreeFind(int fd);
int sktreeCount();
// The core's one receive buffer (kReceiveBufferSize bytes), used under the core lock.
char* receiveBuffer();

}  // namespace kl
