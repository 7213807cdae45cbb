#include "request_gateway.h"

#include <cctype>

std::string requestEntryName(const char* operationName) {
  std::string entry;
  for (const char* c = operationName; *c; ++c) {
    if (std::isupper(static_cast<unsigned char>(*c))) {
      entry += '_';
      entry += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    } else {
      entry += *c;
    }
  }
  return entry;
}
