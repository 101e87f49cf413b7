#include "aUSBArrivals.h"

#include <libusb.h>
#include <stdint.h>

#include <atomic>
#include <new>
#include <thread>

#include "aUSB.h"

#define aUSBARRIVALS_VALID 0xA771

struct aUSBArrivals {
  uint16_t check;
  libusb_context* context;
  libusb_hotplug_callback_handle handle;
  std::atomic<bool> arrived;
  std::atomic<bool> stopping;
  std::thread events;
};

static bool sValid(const aUSBArrivals* arrivals) { return arrivals && arrivals->check == aUSBARRIVALS_VALID; }

static int LIBUSB_CALL cbArrived(libusb_context*, libusb_device*, libusb_hotplug_event, void* reference) {
  static_cast<aUSBArrivals*>(reference)->arrived.store(true);
  return 0;  // stay registered
}

// Runs libusb's events (the hotplug callback among them) until the record is destroyed.
static void sEvents(aUSBArrivals* arrivals) {
  while (!arrivals->stopping.load()) {
    struct timeval slice = {0, 200000};
    libusb_handle_events_timeout_completed(arrivals->context, &slice, nullptr);
  }
}

aErr aUSBArrivals_Create(aUSBArrivals** arrivals) {
  if (!arrivals)
    return aErrParam;
  *arrivals = nullptr;
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
    return aErrUnimplemented;
  aUSBArrivals* record = new (std::nothrow) aUSBArrivals;
  if (!record)
    return aErrMemory;
  record->context = nullptr;
  record->arrived = false;
  record->stopping = false;
  if (libusb_init(&record->context) != 0) {
    delete record;
    return aErrIO;
  }
  if (libusb_hotplug_register_callback(record->context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_NO_FLAGS,
                                       aUSB_VENDOR_ID, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, cbArrived,
                                       record, &record->handle) != LIBUSB_SUCCESS) {
    libusb_exit(record->context);
    delete record;
    return aErrUnimplemented;
  }
  record->check = aUSBARRIVALS_VALID;
  record->events = std::thread(sEvents, record);
  *arrivals = record;
  return aErrNone;
}

bool aUSBArrivals_Take(aUSBArrivals* arrivals) { return sValid(arrivals) && arrivals->arrived.exchange(false); }

aErr aUSBArrivals_Destroy(aUSBArrivals** arrivals) {
  if (!arrivals || !sValid(*arrivals))
    return aErrParam;
  aUSBArrivals* record = *arrivals;
  record->check = 0;
  record->stopping.store(true);
  // Deregistering wakes the event thread out of its wait.
  libusb_hotplug_deregister_callback(record->context, record->handle);
  record->events.join();
  libusb_exit(record->context);
  delete record;
  *arrivals = nullptr;
  return aErrNone;
}
