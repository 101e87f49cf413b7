// Identification of the maker's USB modules.
#pragma once

// Vendor id that every module carries; USB enumeration and the USB stream match on it.
#ifndef aUSB_VENDOR_ID
#define aUSB_VENDOR_ID 0x24FF
#endif

// Module product ids lie below this value; the low byte is the model code.
#define aUSB_PRODUCT_ID_LIMIT 0x8000
