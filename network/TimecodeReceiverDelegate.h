#pragma once

#include <memory>

#include "decode/SMPTE_tc.h"

class NetService;
class TimecodeReceiver;

// Hears what a TimecodeReceiver finds and receives. The controller is the one
// delegate in the system.
class TimecodeReceiverDelegate {
public:
    virtual ~TimecodeReceiverDelegate() = default;

    /// A source became visible. Main thread.
    virtual void timecodeReceiverDidFindService(TimecodeReceiver& receiver,
                                                const std::shared_ptr<NetService>& service,
                                                bool moreComing) = 0;
    /// A source went away. Main thread.
    virtual void timecodeReceiverDidRemoveService(TimecodeReceiver& receiver,
                                                  const std::shared_ptr<NetService>& service,
                                                  bool moreComing) = 0;
    /// A value for a current subscription, with myId the subscription's index;
    /// the record is the delegate's. Receiver thread: hand the value on and
    /// return, without waiting for any other thread.
    virtual void timecode(std::unique_ptr<SMPTE_tc> tc) = 0;
};
