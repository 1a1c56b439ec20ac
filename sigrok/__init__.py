"""sigrok"""
