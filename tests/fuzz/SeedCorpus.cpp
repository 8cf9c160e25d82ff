// Writes the seed inputs of the engine-frame fuzz target into a folder: one stream of frames per
// message family, made by the encoders themselves. Run by scripts/fuzz before fuzzing.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "protocol/EngineMessages.h"
#include "protocol/nwFrame.h"

namespace {

using namespace engineproto;

template <typename Message>
std::string Frame(const Message& message) {
  std::string payload = *EncodePayload(message);
  return nwBuildFrame(GroupOf<Message>(), Message::kType, payload.data(),
                      static_cast<int32_t>(payload.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  FileRecord file{
      5, 0, 1, 0, 1234, "/games/orba/", "data.pak", "http://a.test/data.pak|http://b.test/data.pak"};
  JobProgress progress;
  progress.jobSeq = 5;
  progress.entries = {{1234, 600, 100, "data.pak"}};
  std::vector<std::pair<std::string, std::string>> seeds = {
      {"to-engine", Frame(ServiceCode{"SVC"}) + Frame(JobMode{2}) + Frame(EngineTag{"abc"}) +
                        Frame(JobFiles{5, "SVC", {file, file}}) + Frame(JobReport{5}) + Frame(StopJob{5, 7}) +
                        Frame(JobFlag{5, 7, 1}) + Frame(ResumeAnswer{7, 5, 1, 0}) + Frame(ModeRequest{})},
      {"large-list", Frame(JobBegin{5, 1, "SVC"}) + Frame(JobFile{file}) + Frame(JobEnd{5})},
      {"from-engine",
       Frame(JobAccepted{5, 7, 2, 2468}) + Frame(progress) + Frame(FileDone{5, 7, "/p", "http://a"}) +
           Frame(FileDoneEx{5, 7, "/p", "t", "http://a"}) + Frame(JobWarning{5, 7, 1, "disk"}) +
           Frame(NetworkDown{}) + Frame(NetworkUp{}) + Frame(JobFailed{5, "why"}) + Frame(ResumeQuery{5}) +
           Frame(EngineMode{2}) + Frame(JobFinished{5, 7, 2, 0})},
  };
  for (const auto& [name, bytes] : seeds) {
    std::ofstream out(std::string(argv[1]) + "/seed-" + name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) return 1;
  }
  return 0;
}
