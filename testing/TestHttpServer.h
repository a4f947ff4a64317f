#pragma once
// TestHttpServer: the recording, scripted HTTP(S) server of networking tests. It is the demo's server
// core (demo/HttpServer.h, where routes, scripts, recording, TLS options and lifetime are described);
// its names are brought in here so tests spell them tesmar_testing::...
#include "demo/HttpServer.h"

namespace tesmar_testing {

using TestHttpServer = tesmar_demo::HttpServer;
using tesmar_demo::fillPattern;
using tesmar_demo::Gate;
using tesmar_demo::gzipCompress;
using tesmar_demo::gzipDecompress;
using tesmar_demo::HeaderList;
using tesmar_demo::headerNamesEqual;
using tesmar_demo::MultipartPart;
using tesmar_demo::patternByte;
using tesmar_demo::RecordedRequest;
using tesmar_demo::Reply;
using tesmar_demo::StreamedBody;

}  // namespace tesmar_testing
