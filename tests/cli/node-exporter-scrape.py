#!/usr/bin/python3
"""Starts Debian's node exporter with only its textfile collector reading FOLDER, on a port of the
loopback, and prints its /metrics once it answers. The exporter takes no port 0: one free a moment
ago is tried, and another if someone took it meanwhile. Usage: node-exporter-scrape.py FOLDER"""
import socket, subprocess, sys, time, urllib.request

for attempt in range(5):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    exporter = subprocess.Popen(["/usr/bin/prometheus-node-exporter", "--collector.disable-defaults",
                                 "--collector.textfile", "--collector.textfile.directory=" + sys.argv[1],
                                 f"--web.listen-address=127.0.0.1:{port}"], stderr=subprocess.DEVNULL)
    try:
        for wait in range(100):
            if exporter.poll() is not None:
                break
            try:
                page = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read()
                if b"node_textfile_scrape_error" in page:
                    sys.stdout.buffer.write(page)
                    sys.exit(0)
            except OSError:
                time.sleep(0.05)
    finally:
        exporter.kill()
        exporter.wait()
sys.exit("the node exporter did not start (Debian package prometheus-node-exporter)")
