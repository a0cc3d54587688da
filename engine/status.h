// Status codes shared by every engine, the store and the device layer.
// Anything else an operation returns is the errno of the failing system call.
#pragma once

namespace vorlenta {

constexpr int kStatusOk = 0;
constexpr int kStatusNoMemory = 8;
constexpr int kStatusClusterTooLarge = 29;
constexpr int kStatusReadFault = 30;
constexpr int kStatusInvalidParameter = 87;
// The recovery callback's answer when the user stopped the recovery.
constexpr int kStatusUserStop = -9527;

}  // namespace vorlenta
