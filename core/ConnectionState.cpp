#include "ConnectionState.h"

void InitConnectionState(ConnectionState& state) {
  const double fileSize = state.FileSize;
  const double bytesReceived = state.BytesReceived;
  const float percent = state.Percent;
  state = ConnectionState{};
  state.FileSize = fileSize;
  state.BytesReceived = bytesReceived;
  state.Percent = percent;
}
