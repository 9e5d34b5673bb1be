// In-process front-end of the simulated ECU: a UDS transport table that hands every request
// straight to an ecusim::EcuModel and queues its answers, so the flash sequence can be tested
// without sockets.
//
//   const UDS_tstTransport* t = ecusim::InProcess::start(config);
//   UDS_vSetTransportOverride(t);   // the flasher's UDS client now talks to the model
//   ... run the flasher ...
//   ecusim::InProcess::model().report();  // what the ECU saw
//   ecusim::InProcess::stop();
//
// The table's functions have no context argument, so there is one process-wide instance;
// start() replaces any earlier one. iReceive returns the next queued answer at once (an
// answer delay is waited for, up to the caller's timeout); with nothing queued it returns 0
// immediately, since no answer can arrive later in-process.
#pragma once

#include "sim/ecu_config.h"
#include "sim/ecu_model.h"
#include "uds/uds_transport.h"

namespace ecusim {

class InProcess {
public:
    static const UDS_tstTransport* start(const EcuConfig& config);
    static void stop();
    static bool running();
    static EcuModel& model();  // only while running
    // Number of requests the transport was handed (TesterPresent included).
    static unsigned requestCount();
};

}  // namespace ecusim
