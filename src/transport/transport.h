// SPDX-License-Identifier: MIT
// The transport interface between the protocol engine and a unit: one driver per send, over a
// serial port or a MIDI input/output pair.
//
// Error convention of the transport layer: `int` transport codes, 0 (kTransportOk) for success
// and a TransportCode otherwise; Read returns the count delivered and LastError() the code
// behind a short one. The protocol layer passes these codes on inside its own result space.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kestrune {

// Transport codes. The protocol engine passes them on as results, so their numbers sit beside
// the engine's own; a number may mean something else there (101 is also kContactCancelled).
enum TransportCode : int {
  kTransportOk = 0,
  kTransportTimeout = 100,     // no reply within the time limit, short write
  kTransportError = 101,       // undefined error
  kTransportDisconnect = 102,  // port closed or disconnected
};

// All operations are called on the user-interface thread, except where a driver says which of
// its own members its receive thread touches. The engine owns the driver it is handed.
class Transport {
 public:
  Transport() = default;
  virtual ~Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Sends a block; returns a transport code.
  virtual int Write(const uint8_t* data, unsigned length) = 0;
  // Delivers up to `maximum` received bytes, waiting up to `timeLimitMs` for them while the
  // user interface keeps running; returns the count delivered.
  virtual unsigned Read(uint8_t* buffer, unsigned maximum, unsigned timeLimitMs) = 0;
  virtual int Open() { return 0; }
  virtual int Close() { return 0; }
  // Text for a transport code.
  virtual std::string ErrorText(int code);
  // Number of Write/Read calls in progress.
  virtual int BusyCount() { return 0; }
  virtual void Reopen() {}
  virtual int LastError() { return 0; }
  virtual int IsMidi() { return 0; }
  // Received bytes not yet taken by Read, without a reading pass; -1 when the driver cannot tell.
  virtual int WaitingBytes() { return -1; }

  // The SysEx type letter the next Write puts on the wire (MIDI only).
  uint8_t messageType = 0;
  // Type byte of the last SysEx message Read accepted (MIDI only).
  uint8_t receivedType = 0;
  // Set to 1 by every Read; the engine clears it to cancel. Written on the user-interface
  // thread, but atomic so a driver's receive thread may look at it.
  std::atomic<int> receiveActive{0};
  // Non-zero while the engine's stop request stands (set and cleared with its cancel flag).
  // Unlike receiveActive it outlives the Read it came in, so a stop asked for between two
  // reads still ends the next one at once. Drivers whose reads can wait honour it.
  std::atomic<int> stopRequest{0};
};

}  // namespace kestrune
