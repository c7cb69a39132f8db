"""Messaging between services over Redis.

The transfer of requests and results (``ravu.mqrpc.transfer``), the registry
of request handlers by URL (``ravu.mqrpc.route``) and the current request
(``ravu.mqrpc.context``)."""
