/* The baseline the helper's socket is measured against: the least a thread-per-connection
 * Unix-socket server can do. It answers every connection with "Ok" once the client has
 * half-closed, like the helper answering a Ping, and does nothing else.
 * Usage: baseline_server SOCKET_PATH [STACK_KIB] (runs until killed); STACK_KIB sets its threads'
 * stack size, the C library's default otherwise. */
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static void* serve(void* arg) {
  int fd = (int)(intptr_t)arg;
  char buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
  static const char answer[] = "\"Ok\"";
  ssize_t written = write(fd, answer, sizeof answer - 1);
  (void)written;
  close(fd);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: baseline_server SOCKET_PATH [STACK_KIB]\n");
    return 2;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (argc == 3) pthread_attr_setstacksize(&attributes, (size_t)atol(argv[2]) * 1024);
  signal(SIGPIPE, SIG_IGN);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  unlink(argv[1]);
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 128) != 0) {
    perror("baseline_server");
    return 1;
  }
  printf("listening\n");
  fflush(stdout);
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) continue;
    pthread_t thread;
    if (pthread_create(&thread, &attributes, serve, (void*)(intptr_t)fd) != 0) {
      close(fd);
      continue;
    }
    pthread_detach(thread);
  }
}
