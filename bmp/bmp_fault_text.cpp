#include "bmp/bmp_fault_text.h"

namespace kadrix {

const char* bmp_fault_format(BmpFault fault) {
  switch (fault) {
    case BmpFault::none: break;
    case BmpFault::short_header: return "plik krotszy niz naglowek";
    case BmpFault::no_signature: return "brak sygnatury BM";
    case BmpFault::small_info_header: return "naglowek informacyjny za krotki";
    case BmpFault::bit_count: return "glebia bitowa %d, wymagana 8";
    case BmpFault::compression: return "kompresja %d, wymagany brak";
    case BmpFault::data_offset: return "bledne przesuniecie danych";
    case BmpFault::width: return "bledna szerokosc %d";
    case BmpFault::height: return "bledna wysokosc %d";
    case BmpFault::pixel_count: return "za duzo pikseli";
    case BmpFault::short_pixels: return "plik urwany";
    case BmpFault::read_failed: return "blad odczytu";
  }
  return "blad odczytu";
}

}  // namespace kadrix
