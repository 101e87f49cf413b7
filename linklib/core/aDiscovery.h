// Finding modules on one transport: USB through libusb, TCP/IP through a
// multicast request and the modules' UDP replies.
#pragma once
#include <stdint.h>

#include "aLinkSpec.h"

#include "aUSB.h"  // aUSB_VENDOR_ID, by which USB modules are recognised

// TCP/IP discovery datagrams.
#define aDISCOVERY_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_DATAGRAM_SIZE 16
#define aDISCOVERY_RECEIVE_TIMEOUT_MS 2000

// Called once per module found. `spec` is valid only during the call; setting
// *success makes the module count. Return true to go on searching, false to stop.
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* success, void* reference);

// Asked between short waits of a search; true ends the search at once, with
// what it reported so far (a person pressed Ctrl-C, say). Null, the default,
// never ends a search early. One check serves the whole process.
typedef bool (*aDiscoveryCancel)(void);
void aDiscovery_SetCancel(aDiscoveryCancel cancel);

// Number of modules (0 to 255) for which the callback set its flag. Types other
// than linkTypeUSB and linkTypeTCPIP return 0 without touching anything.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference);

// A new specifier (free with aLinkSpec_Destroy) or nothing.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber);
linkSpec* aDiscovery_FindFirstModule(linkType type);

// True for a device that carries the maker's vendor id and a product id below 0x8000.
bool aDiscovery_IsModuleDevice(uint16_t vendorId, uint16_t productId);

// Describes one USB module from its product id and serial-number string (`length`
// characters, not necessarily terminated). False when the string is not exactly
// 8 hexadecimal digits, in which case the device is not a module to report.
bool aDiscovery_DescribeUSBModule(uint16_t productId, const char* serialText, int length, linkSpec* spec);

// Describes one TCP/IP module from a discovery reply of `length` bytes received
// from `sourceAddress` (IPv4, network byte order). False when the reply is too
// short to carry a serial number.
bool aDiscovery_DescribeTCPIPModule(const uint8_t* reply, int length, uint32_t sourceAddress, linkSpec* spec);

// Where a USB module sits: its bus number and device address. False when no module
// with that serial number can be opened on the bus.
bool aDiscovery_USBPlace(uint32_t serialNumber, uint8_t* bus, uint8_t* device);

// True when the last TCP/IP search of the calling thread could not listen, because
// another discovery on the host kept the reply port for the whole wait: its empty
// result then says nothing about the network.
bool aDiscovery_PortBusy(void);
