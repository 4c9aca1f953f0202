// A styled 40-line receipt built as a device-service print document and
// wrapped in its print message, as a print job over the device service does
// on every send. Goal: well under 50 µs per receipt.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "service/request_messages.h"

using namespace tilo2::core;

namespace {

// Builds the receipt into the document's body; false on any refusal.
bool BuildReceipt(TdevDocument_t* document) {
  int rc = TdevXmlTextAlign(document, 1);
  rc |= TdevXmlTextSize(document, 2, 2);
  rc |= TdevXmlTextStyle(document, 2, 2, 1, 5);
  rc |= TdevXmlText(document, "Corner Shop & Caf\xC3\xA9\n");
  rc |= TdevXmlTextSize(document, 1, 1);
  rc |= TdevXmlTextStyle(document, 2, 2, 0, 5);
  rc |= TdevXmlTextAlign(document, 0);
  char line[96];
  for (int i = 0; i < 40; ++i) {
    if (i % 8 == 0) rc |= TdevXmlTextStyle(document, 0, i % 16 == 0 ? 1 : 0, 1, 1);
    std::snprintf(line, sizeof line, "Item %02d <%s>\t%3d x %5.2f \xE2\x82\xAC\n", i,
                  i % 3 ? "std" : "promo", 1 + i % 4, 1.25 * (i + 1));
    rc |= TdevXmlText(document, line);
    if (i % 8 == 0) rc |= TdevXmlTextStyle(document, 1, 0, 0, 5);
  }
  rc |= TdevXmlFeedLine(document, 1);
  rc |= TdevXmlTextAlign(document, 1);
  rc |= TdevXmlBarcode(document, "{A<&1234567890", 14, 10, 2, 64, 2, 0);
  rc |= TdevXmlSymbol(document, "https://shop.example/r?id=42&k=<x>", 34, 3, 10, -1, 4, -1);
  rc |= TdevXmlCut(document, 1);
  return rc == 0;
}

void BM_ServiceReceiptDocumentAndMessage(benchmark::State& state) {
  for (auto _ : state) {
    TdevDocument_t* document = nullptr;
    TdevDocCreate(TDEV_DOC_PRINT, "local_printer", &document);
    if (!BuildReceipt(document)) state.SkipWithError("a builder refused");
    TdevBuffer_t* message = nullptr;
    if (TdevMsgPrintData(document, 42, 60000, "", 0, 0, &message) != 0)
      state.SkipWithError("the message was refused");
    benchmark::DoNotOptimize(message->data);
    state.counters["bytes"] = message->length;
    TdevBufferFree(message);
    TdevDocFree(document);
  }
}
BENCHMARK(BM_ServiceReceiptDocumentAndMessage);

// The same with the handle's document reused from job to job.
void BM_ServiceReceiptReusedDocument(benchmark::State& state) {
  TdevDocument_t* document = nullptr;
  TdevDocCreate(TDEV_DOC_PRINT, "local_printer", &document);
  for (auto _ : state) {
    TdevDocClearBody(document);
    if (!BuildReceipt(document)) state.SkipWithError("a builder refused");
    TdevBuffer_t* message = nullptr;
    if (TdevMsgPrintData(document, 42, 60000, "", 0, 0, &message) != 0)
      state.SkipWithError("the message was refused");
    benchmark::DoNotOptimize(message->data);
    TdevBufferFree(message);
  }
  TdevDocFree(document);
}
BENCHMARK(BM_ServiceReceiptReusedDocument);

}  // namespace
