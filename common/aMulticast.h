// aMulticast: a small IPv4 UDP multicast endpoint, created either as a sender
// (sends to the group, does not bind) or as a receiver (binds the group's
// port, receives with a 1-second time-out). Used by the sharing server's
// multicast discovery worker and by the client-side multicast search.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int aMULTICAST_RECEIVER = 0;
constexpr int aMULTICAST_SENDER = 1;

// Results of the operations besides byte counts.
constexpr int aMULTICAST_FAILED = -1;
constexpr int aMULTICAST_NULL = -2;
constexpr int aMULTICAST_WRONG_ROLE = -3;

struct aMulticast;

// Addresses are IPv4 in network byte order. An interface of 0 or 127.0.0.1
// means the loopback interface. Returns null on any failure (a second
// receiver for the same port included); nothing is left open then.
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, int port, int role);
// Bytes sent; -1 on failure, -2 for a null endpoint, -3 for a receiver.
int aMulticast_Send(aMulticast* endpoint, const void* data, uint32_t length);
// Bytes of one datagram; -1 on failure or after 1 s without one, -2 for a
// null endpoint, -3 for a sender.
int aMulticast_Receive(aMulticast* endpoint, void* buffer, size_t size);
// Closes and frees the endpoint and clears the pointer; 0, or -2 for null.
int aMulticast_Destroy(aMulticast** endpoint);
