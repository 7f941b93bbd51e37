#!/usr/bin/env python3
"""Queues many held jobs on a lab printer quickly.

Each job is one Print-Job request with job-hold-until=indefinite, sent over a few HTTP/1.1
keep-alive connections in parallel; one `lp` run per job would cost a process and a connection.

    cups-lab-jobs.py --port PORT --printer NAME --count N [--user U] [--size BYTES]
                     [--title T] [--connections C]

Titles are T, or "job N" when T is not given; N counts from 1. Exits 1 when the server refuses a
job (the status is printed on standard error).
"""
import argparse
import http.client
import struct
import sys
import threading

TAG_OPERATION = 0x01
TAG_JOB = 0x02
TAG_END = 0x03
TAG_KEYWORD = 0x44
TAG_URI = 0x45
TAG_CHARSET = 0x47
TAG_LANGUAGE = 0x48
TAG_MIME = 0x49
TAG_NAME = 0x42
PRINT_JOB = 0x0002


def attribute(tag, name, value):
    n = name.encode()
    v = value if isinstance(value, bytes) else value.encode()
    return struct.pack(">BH", tag, len(n)) + n + struct.pack(">H", len(v)) + v


def print_job_request(request_id, uri, user, title, document):
    body = struct.pack(">BBHI", 1, 1, PRINT_JOB, request_id)
    body += bytes([TAG_OPERATION])
    body += attribute(TAG_CHARSET, "attributes-charset", "utf-8")
    body += attribute(TAG_LANGUAGE, "attributes-natural-language", "en-us")
    body += attribute(TAG_URI, "printer-uri", uri)
    body += attribute(TAG_NAME, "requesting-user-name", user)
    body += attribute(TAG_NAME, "job-name", title)
    body += attribute(TAG_MIME, "document-format", "application/octet-stream")
    body += bytes([TAG_JOB])
    body += attribute(TAG_KEYWORD, "job-hold-until", "indefinite")
    body += bytes([TAG_END])
    return body + document


def send_jobs(args, numbers, failures):
    path = "/printers/" + args.printer
    uri = "ipp://127.0.0.1:%d%s" % (args.port, path)
    document = b"x" * args.size
    conn = http.client.HTTPConnection("127.0.0.1", args.port, timeout=120)
    try:
        for n in numbers:
            title = args.title if args.title else "job %d" % n
            body = print_job_request(n, uri, args.user, title, document)
            conn.request("POST", path, body, {"Content-Type": "application/ipp"})
            reply = conn.getresponse()
            data = reply.read()
            status = struct.unpack(">H", data[2:4])[0] if len(data) >= 4 else None
            if reply.status != 200 or status is None or status >= 0x0100:
                failures.append("job %d: HTTP %d, IPP status %s" %
                                (n, reply.status, "none" if status is None else hex(status)))
                return
    except (OSError, http.client.HTTPException) as e:
        failures.append("connection failed: %s" % e)
    finally:
        conn.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--printer", required=True)
    p.add_argument("--count", type=int, required=True)
    p.add_argument("--user", default="lab")
    p.add_argument("--size", type=int, default=1024)
    p.add_argument("--title", default="")
    p.add_argument("--connections", type=int, default=4)
    args = p.parse_args()
    if args.count < 0 or args.size < 1 or args.connections < 1:
        p.error("the count is not negative, the size and the connections are at least 1")

    failures = []
    workers = []
    lanes = min(args.connections, max(args.count, 1))
    for lane in range(lanes):
        numbers = range(lane + 1, args.count + 1, lanes)
        t = threading.Thread(target=send_jobs, args=(args, numbers, failures))
        t.start()
        workers.append(t)
    for t in workers:
        t.join()
    if failures:
        for f in failures:
            print("cups-lab-jobs: " + f, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
