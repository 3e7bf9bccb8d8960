"""C client connections, each a process of its own (no interpreter lock between them), each
delivering one message after another over one LMTP connection, as Postfix reuses its
connections. They take the next message from one shared counter, so none idles while others
still have work. A delivery's latency runs from MAIL FROM to the reply after the data.
"""
import multiprocessing
import queue
import smtplib
import threading
import time

from lmtp import corpus

SOCKET_TIMEOUT_S = 120


def _client(port, messages, next_index, barrier, results):
    delivered, refused = [], []
    try:
        lmtp = smtplib.LMTP("127.0.0.1", port, timeout=SOCKET_TIMEOUT_S)
        lmtp.ehlo_or_helo_if_needed()
    except Exception as error:  # reported, then the run fails
        barrier.abort()
        results.put(([], [(-1, f"connect: {error}")], 0.0, 0.0))
        return
    try:
        barrier.wait()
    except threading.BrokenBarrierError:  # another client could not connect
        results.put(([], [], 0.0, 0.0))
        return
    start = time.monotonic()
    while True:
        with next_index.get_lock():
            i = next_index.value
            next_index.value += 1
        if i >= len(messages):
            break
        recipient, wire, _ = messages[i]
        begin = time.monotonic()
        try:
            code, reply = lmtp.mail(corpus.SENDER)
            if code == 250:
                code, reply = lmtp.rcpt(recipient)
            if code in (250, 251):
                code, reply = lmtp.data(wire)
        except (smtplib.SMTPException, OSError) as error:  # a broken connection, a timeout
            code, reply = -1, str(error).encode()
        latency = time.monotonic() - begin
        if code == 250:
            delivered.append((i, latency))
        else:
            refused.append((i, f"{code} {reply.decode(errors='replace')}"))
            try:
                lmtp.rset()
            except (smtplib.SMTPException, OSError):
                break
    end = time.monotonic()
    try:
        lmtp.quit()
    except (smtplib.SMTPException, OSError):
        pass
    results.put((delivered, refused, start, end))


def _next_result(results, clients):
    while True:
        try:
            return results.get(timeout=1)
        except queue.Empty:
            crashed = [c.exitcode for c in clients if c.exitcode not in (None, 0)]
            if crashed:
                raise RuntimeError(f"an LMTP client died with exit status {crashed[0]}")


def deliver(server, messages, connections):
    """(latencies of the delivered, [(index, reply)] of the refused, seconds, server CPU s)."""
    context = multiprocessing.get_context("fork")
    next_index = context.Value("l", 0)
    barrier = context.Barrier(connections + 1)
    results = context.Queue()
    clients = [context.Process(target=_client,
                               args=(server.port, messages, next_index, barrier, results))
               for _ in range(connections)]
    for client in clients:
        client.start()
    try:
        barrier.wait()
    except threading.BrokenBarrierError:  # a client could not connect; its report says why
        pass
    cpu_before = server.cpu_seconds()
    latencies, refused, starts, ends = [], [], [], []
    for _ in clients:
        delivered, failed, start, end = _next_result(results, clients)
        latencies.extend(latency for _, latency in delivered)
        refused.extend(failed)
        if end:
            starts.append(start)
            ends.append(end)
    cpu = server.cpu_seconds() - cpu_before
    for client in clients:
        client.join()
    seconds = max(ends) - min(starts) if ends else 0.0
    return latencies, refused, seconds, cpu
