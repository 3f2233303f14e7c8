// gateway/openapi_document.h - the OpenAPI 3.1 document of the HTTP API
// (gateway/openapi.json, compiled in), served at GET /v1/openapi.json.
//
// Threading: a constant.
#ifndef REVIRI_GATEWAY_OPENAPI_DOCUMENT_H_
#define REVIRI_GATEWAY_OPENAPI_DOCUMENT_H_

#include <string_view>

namespace reviri::gateway {

std::string_view openApiDocument();

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_OPENAPI_DOCUMENT_H_
