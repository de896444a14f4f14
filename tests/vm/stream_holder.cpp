// A small capture program, as a video call holds a camera: opens the node
// given, asks uvcvideo for buffers (which makes this handle the stream's
// owner) and starts streaming, says "holding" on standard output and keeps
// the stream until SIGTERM or SIGINT.
//   stream_holder /dev/videoN
// Exit 0 after a signal; 1 when the node cannot be opened or the buffers
// are refused (with the errno on standard error).
#include <fcntl.h>
#include <linux/videodev2.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

volatile sig_atomic_t stop = 0;
void onSignal(int) { stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: stream_holder /dev/videoN\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  const int fd = ::open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "stream_holder: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  v4l2_requestbuffers buffers{};
  buffers.count = 2;
  buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buffers.memory = V4L2_MEMORY_MMAP;
  if (::ioctl(fd, VIDIOC_REQBUFS, &buffers) != 0) {
    std::fprintf(stderr, "stream_holder: VIDIOC_REQBUFS: %s\n", std::strerror(errno));
    return 1;
  }
  // The buffers are queued and the stream started as a capture program
  // does; the camera never fills one, which does not matter here.
  for (unsigned i = 0; i < buffers.count; ++i) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (::ioctl(fd, VIDIOC_QBUF, &buffer) != 0) {
      std::fprintf(stderr, "stream_holder: VIDIOC_QBUF: %s\n", std::strerror(errno));
    }
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  const bool streaming = ::ioctl(fd, VIDIOC_STREAMON, &type) == 0;
  if (!streaming)
    std::fprintf(stderr, "stream_holder: VIDIOC_STREAMON: %s\n", std::strerror(errno));
  std::printf("holding %u buffers%s\n", buffers.count, streaming ? ", streaming" : "");
  std::fflush(stdout);
  while (stop == 0) ::pause();
  if (streaming) ::ioctl(fd, VIDIOC_STREAMOFF, &type);
  ::close(fd);
  return 0;
}
