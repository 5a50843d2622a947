"""Pushes to the provider endpoint with Debian's python3-aioapns, as a provider's server does.

    /usr/bin/python3 aioapns_send.py CONFIG   CONFIG is a JSON object:
      port, ca            the endpoint on 127.0.0.1 and the PEM file of the CA that signed it
      key, keyId, teamId  the provider's token key (PEM file), its key id and team
      device, topic       the device token and the apns-topic
      payload, count      the payload object and how many pushes, all sent at once
      badDevice, otherTopic   one more push each to this token, and with this topic, when given

The library is used as shipped; only where it connects changes (its protocol classes name the
service's host and port) and the TLS context trusts the test CA. It offers no ALPN.
Prints one JSON line per push, {"status": N, "apnsId": ID, "reason": R} or {"error": TEXT}.
"""

import asyncio
import json
import ssl
import sys

from aioapns import APNs, NotificationRequest
from aioapns.connection import APNsProductionClientProtocol


def client(config, topic):
    return APNs(
        key=config["key"],
        key_id=config["keyId"],
        team_id=config["teamId"],
        topic=topic,
        ssl_context=ssl.create_default_context(cafile=config["ca"]),
    )


async def send(apns, device, payload, count):
    requests = [NotificationRequest(device_token=device, message=payload) for _ in range(count)]
    results = await asyncio.gather(
        *(apns.send_notification(request) for request in requests), return_exceptions=True
    )
    for result in results:
        if isinstance(result, Exception):
            print(json.dumps({"error": repr(result)}), flush=True)
        else:
            print(
                json.dumps(
                    {
                        "status": int(result.status),
                        "apnsId": result.notification_id,
                        "reason": result.description,
                    }
                ),
                flush=True,
            )


async def main(config):
    APNsProductionClientProtocol.APNS_SERVER = "127.0.0.1"
    APNsProductionClientProtocol.APNS_PORT = config["port"]
    apns = client(config, config["topic"])
    await send(apns, config["device"], config["payload"], config.get("count", 1))
    if "badDevice" in config:
        await send(apns, config["badDevice"], config["payload"], 1)
    if "otherTopic" in config:
        await send(client(config, config["otherTopic"]), config["device"], config["payload"], 1)


if __name__ == "__main__":
    asyncio.run(main(json.loads(sys.argv[1])))
