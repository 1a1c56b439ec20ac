"""station"""
