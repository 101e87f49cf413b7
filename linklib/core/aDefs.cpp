#include "aDefs.h"

const char* aDefs_GetModelName(uint32_t code) {
  switch (code) {
    case 4: return "Tavrel";
    case 5: return "Morlix";
    case 13: return "Quessa";
    case 14: return "Darnow";
    case 15: return "Felkor";
    case 16: return "Grivan";
    case 17: return "Holvex";
    case 18: return "Jastre";
    case 19: return "Kirrow";
    case 20: return "Lumbra";
    case 21: return "Nespar";
    case 22: return "Orvile";
    case 23: return "Pestra";
    case 24: return "Rindle";
    default: return "Unknown";
  }
}
