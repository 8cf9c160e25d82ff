#pragma once
// A listener of the HTTP client layer that records every call in order, with the body bytes, and
// lets a test act inside a call; and the connection the sessions open, with the layer on top.
//
//   testsupport::HttpLayerRecorder recorder;
//   nvIHttpClientExLayer* layer = testsupport::OpenHttpConnection(connection, &recorder);
//   layer->OpenUrl(url); layer->SendGet();
//   runtime.PumpUntil([&] { return recorder.Ended(); });
//   EXPECT_EQ((std::vector<std::string>{"connected", "headers", "complete", "closed"}),
//   recorder.Milestones());

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/cpCQoSContext.h"
#include "net/nwCHttpClientExLayer.h"
#include "net/nwClassIds.h"

namespace testsupport {

class HttpLayerRecorder final : public nwIHttpClientExEventListener {
 public:
  static constexpr nwListenerCookie kCookie = 0x5eed;

  std::vector<std::string> events;  // "connected", "headers", "data", "complete", "closed", ...
  std::string body;
  std::vector<int32_t> offers;  // the length of every body offer
  nvIHttpClientExLayer* layer = nullptr;
  int32_t status = -1;         // read from the layer at "headers"
  int64_t contentLength = -1;  // read from the layer at "headers"
  // Runs after a call was recorded (the name of the call is passed).
  std::function<void(const std::string&)> after;
  // Decides how many of the offered body bytes are consumed (default: all).
  std::function<int32_t(int32_t)> consume;

  int Count(const std::string& name) const {
    return static_cast<int>(std::count(events.begin(), events.end(), name));
  }
  bool Ended() const { return Count("closed") > 0; }
  // The calls other than body deliveries, in order.
  std::vector<std::string> Milestones() const {
    std::vector<std::string> out;
    for (const std::string& event : events) {
      if (event != "data") out.push_back(event);
    }
    return out;
  }

  void OnConnected(nwListenerCookie cookie) override { Note(cookie, "connected"); }
  void OnHeaders(nwListenerCookie cookie) override {
    if (layer != nullptr) {
      layer->GetStatusCode(&status);
      layer->GetContentLength(&contentLength);
    }
    Note(cookie, "headers");
  }
  int32_t OnData(nwListenerCookie cookie, const char* data, int32_t length) override {
    offers.push_back(length);
    int32_t taken = consume ? consume(length) : length;
    if (taken > 0) body.append(data, static_cast<size_t>(taken));
    Note(cookie, "data");
    return taken;
  }
  void OnComplete(nwListenerCookie cookie) override { Note(cookie, "complete"); }
  void OnReadyToSend(nwListenerCookie cookie) override { Note(cookie, "ready-to-send"); }
  void OnClosed(nwListenerCookie cookie) override { Note(cookie, "closed"); }
  void OnConnectTimeout(nwListenerCookie cookie) override { Note(cookie, "connect-timeout"); }
  void OnReceiveTimeout(nwListenerCookie cookie) override { Note(cookie, "receive-timeout"); }
  void OnUnreachable(nwListenerCookie cookie) override { Note(cookie, "unreachable"); }

 private:
  void Note(nwListenerCookie cookie, const std::string& name) {
    EXPECT_EQ(kCookie, cookie) << name;
    events.push_back(name);
    if (after) after(name);
  }
};

// Opens `connection` as the sessions open one (high priority, connect-failure and idle events,
// the given time-outs), pushes the HTTP layer on top and makes `recorder` its listener.
inline nvIHttpClientExLayer* OpenHttpConnection(cpCQoSContext* connection, HttpLayerRecorder* recorder,
                                                int32_t connectTimeoutSeconds = 4,
                                                int32_t idleLimitSeconds = 4) {
  EXPECT_EQ(CP_S_OK, connection->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_IDLE, nullptr));
  connection->SetOption(QOS_OPT_CONNECT_TIMEOUT, &connectTimeoutSeconds);
  connection->SetOption(QOS_OPT_IDLE_LIMIT, &idleLimitSeconds);
  EXPECT_EQ(CP_S_OK, connection->PushLayer(CLSID_nwCHttpClientExLayer, false));
  auto* layer = static_cast<nvIHttpClientExLayer*>(connection->GetTopLayer());
  layer->SetListener(recorder, HttpLayerRecorder::kCookie);
  recorder->layer = layer;
  return layer;
}

}  // namespace testsupport
