from kavrel_trader.gateways.base_gateway import BaseGateway

__all__ = ["BaseGateway"]
