"""A real HTTP server (Python's http.server) on 127.0.0.1 for the
reporter's upload tests.

Prints its port; for each POST it reads exactly Content-Length bytes,
takes the body apart as multipart/form-data with Python's e-mail parser and
stores FOLDER/postN.head (the request head) and FOLDER/postN/<field name>
(each part's bytes); it answers 200 and ends after COUNT posts or SECONDS.

    http_receiver.py FOLDER COUNT SECONDS
"""
import email.parser
import email.policy
import http.server
import os
import sys
import threading

folder, count, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
received = 0
done = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        global received
        received += 1
        length = int(self.headers["Content-Length"])
        body = self.rfile.read(length)
        with open(os.path.join(folder, "post%d.head" % received), "w") as out:
            out.write(self.requestline + "\n" + str(self.headers))
        parts = os.path.join(folder, "post%d" % received)
        os.mkdir(parts)
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + self.headers["Content-Type"].encode() + b"\r\n\r\n" + body)
        for part in message.iter_parts():
            name = part.get_param("name", header="content-disposition")
            with open(os.path.join(parts, name), "wb") as out:
                out.write(part.get_payload(decode=True))
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"OK")
        if received >= count:
            done.set()

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
done.wait(seconds)
server.shutdown()
