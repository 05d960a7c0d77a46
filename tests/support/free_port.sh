# Sourced by the test servers' scripts. free_port prints a TCP port of 127.0.0.1 that
# nothing listens on now; the caller still retries when another process takes it first.
free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}
