// The OpenAPI 3 description of the service, built from the route list of
// routes.h so that it names exactly the routes served.
#pragma once

#include <string>

namespace grouper::serve {

// The document as JSON text, with a line feed at its end.
const std::string& openapi_document();

}  // namespace grouper::serve
